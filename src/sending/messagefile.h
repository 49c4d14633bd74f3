#pragma once

#include "mime/mimeassembler.h"

#include <QByteArray>
#include <QByteArrayView>

#include <functional>

// A message as the server receives it, for message files and previews: the
// assembler's wire bytes with the dot-stuffing undone and the final "." line
// removed (RFC 5321 4.5.2). The message is produced piece by piece, exactly
// as a session sends it, so a 200 MB attachment never sits in memory whole.
namespace varnholt {

// Hands the message to `sink` in pieces of at most about 64 KB. Returns
// false as soon as the sink does (a failed write).
bool WriteMessageFile(const MimeInputs &inputs, const std::function<bool(QByteArrayView)> &sink);

// The whole message in memory: for tests and small messages.
[[nodiscard]] QByteArray MessageFileBytes(const MimeInputs &inputs);

} // namespace varnholt
