#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

// Whether a text contains any of many byte patterns, in one pass over the
// text however many patterns there are (an Aho-Corasick automaton). The
// filter's "Contains keywords" and find and replace's quick test use it.
namespace varnholt {

class MultiPattern
{
public:
    // Empty patterns are left out: they never match.
    explicit MultiPattern(const std::vector<QByteArray> &patterns);

    [[nodiscard]] bool empty() const { return m_nodes.size() <= 1; }
    [[nodiscard]] bool containsAny(QByteArrayView text) const;

private:
    struct Node {
        qint32 fail = 0;
        bool output = false;
    };
    struct Edge {
        quint64 key = 0; // node << 8 | byte, plus one; 0 marks a free slot
        qint32 child = 0;
    };
    [[nodiscard]] qint32 child(qint32 node, unsigned char c) const;
    void addEdge(qint32 node, unsigned char c, qint32 to);
    void growEdges();

    std::vector<Node> m_nodes;
    qint32 m_root[256];
    std::vector<Edge> m_edges; // node > 0
    size_t m_edgeCount = 0;
};

} // namespace varnholt
