#include "multipattern.h"

#include <algorithm>
#include <deque>

namespace varnholt {

namespace {

[[nodiscard]] inline size_t mix(quint64 key)
{
    key ^= key >> 33;
    key *= 0xff51afd7ed558ccdull;
    key ^= key >> 33;
    return size_t(key);
}

} // namespace

MultiPattern::MultiPattern(const std::vector<QByteArray> &patterns)
{
    std::fill(std::begin(m_root), std::end(m_root), -1);
    m_nodes.push_back({});
    m_edges.resize(1024);
    // The trie of the patterns.
    for (const QByteArray &pattern : patterns) {
        if (pattern.isEmpty())
            continue;
        qint32 node = 0;
        for (const char ch : pattern) {
            const auto c = static_cast<unsigned char>(ch);
            qint32 next = node == 0 ? m_root[c] : child(node, c);
            if (next < 0) {
                next = qint32(m_nodes.size());
                m_nodes.push_back({});
                if (node == 0)
                    m_root[c] = next;
                else
                    addEdge(node, c, next);
            }
            node = next;
        }
        m_nodes[size_t(node)].output = true;
    }
    // Failure links, breadth first: the longest proper suffix of a node's
    // text that is also in the trie. The root's missing edges lead back to
    // the root, so the walk below never needs a loop for it.
    std::deque<qint32> queue;
    for (int c = 0; c < 256; ++c) {
        if (m_root[c] > 0) {
            m_nodes[size_t(m_root[c])].fail = 0;
            queue.push_back(m_root[c]);
        }
    }
    // Each node's children: collected by scanning the edges once.
    std::vector<std::vector<std::pair<unsigned char, qint32>>> childrenOf(m_nodes.size());
    for (const Edge &e : m_edges) {
        if (e.key != 0)
            childrenOf[size_t((e.key - 1) >> 8)].push_back({static_cast<unsigned char>((e.key - 1) & 0xFF), e.child});
    }
    while (!queue.empty()) {
        const qint32 node = queue.front();
        queue.pop_front();
        for (const auto &[c, next] : childrenOf[size_t(node)]) {
            qint32 f = m_nodes[size_t(node)].fail;
            qint32 target = -1;
            while (true) {
                target = f == 0 ? m_root[c] : child(f, c);
                if (target >= 0 || f == 0)
                    break;
                f = m_nodes[size_t(f)].fail;
            }
            m_nodes[size_t(next)].fail = target > 0 ? target : 0;
            m_nodes[size_t(next)].output =
                m_nodes[size_t(next)].output || m_nodes[size_t(m_nodes[size_t(next)].fail)].output;
            queue.push_back(next);
        }
        childrenOf[size_t(node)] = {};
    }
    for (qint32 &r : m_root) {
        if (r < 0)
            r = 0;
    }
}

qint32 MultiPattern::child(qint32 node, unsigned char c) const
{
    const quint64 key = ((quint64(node) << 8) | c) + 1;
    const size_t mask = m_edges.size() - 1;
    for (size_t i = mix(key) & mask;; i = (i + 1) & mask) {
        const Edge &e = m_edges[i];
        if (e.key == key)
            return e.child;
        if (e.key == 0)
            return -1;
    }
}

void MultiPattern::addEdge(qint32 node, unsigned char c, qint32 to)
{
    if ((m_edgeCount + 1) * 2 > m_edges.size())
        growEdges();
    const quint64 key = ((quint64(node) << 8) | c) + 1;
    const size_t mask = m_edges.size() - 1;
    size_t i = mix(key) & mask;
    while (m_edges[i].key != 0)
        i = (i + 1) & mask;
    m_edges[i] = {key, to};
    ++m_edgeCount;
}

void MultiPattern::growEdges()
{
    std::vector<Edge> old(m_edges.size() * 2);
    old.swap(m_edges);
    const size_t mask = m_edges.size() - 1;
    for (const Edge &e : old) {
        if (e.key == 0)
            continue;
        size_t i = mix(e.key) & mask;
        while (m_edges[i].key != 0)
            i = (i + 1) & mask;
        m_edges[i] = e;
    }
}

bool MultiPattern::containsAny(QByteArrayView text) const
{
    if (empty())
        return false;
    qint32 node = 0;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        while (true) {
            if (node == 0) {
                node = m_root[c];
                break;
            }
            const qint32 next = child(node, c);
            if (next >= 0) {
                node = next;
                break;
            }
            node = m_nodes[size_t(node)].fail;
        }
        if (m_nodes[size_t(node)].output)
            return true;
    }
    return false;
}

} // namespace varnholt
