#pragma once

#include "sending/mailmerge.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <vector>

// Active content out of an HTML text before it goes to the recipients:
// scripts, frames, plug-ins, forms and their controls, event attributes
// and script addresses. Receiving mail programs block all of it and spam
// filters count it against the sender; a message is better off without.
//
// The text is read the way a browser reads it (comments, raw text of
// <script>, <style> and the like, quoted and unquoted attribute values);
// whatever is kept stays as it was, byte for byte, except a kept tag that
// lost an attribute or holds "<" or ">" in a value, which is written anew
// with its values in double quotes.
namespace varnholt {

struct ActiveContentCleanup {
    QString html;
    // What went, by kind ("<script>", "onclick attribute", "javascript:
    // address", ...) with how often.
    QMap<QString, int> removed;
    // The kept tags that have attributes, as ranges of `html`: a merge
    // field inside one can make a new attribute or address, so a text
    // merged into such a tag is cleaned again.
    std::vector<TextRange> tagsWithAttributes;

    [[nodiscard]] bool changed() const { return !removed.isEmpty(); }
};

[[nodiscard]] ActiveContentCleanup RemoveActiveContent(const QString &html);

// "2 x <script>, 1 x onclick attribute" for the user.
[[nodiscard]] QString RemovedContentText(const QMap<QString, int> &removed);

// Adds the counts of `more` to `into`.
void AddRemovedContent(QMap<QString, int> &into, const QMap<QString, int> &more);

} // namespace varnholt
