#pragma once

#include <QStringView>

namespace varnholt {

// Whether an e-mail cell names exactly one recipient the run may hand to the
// server: it holds an "@", no control character (a TAB, ESC or DEL would
// reach the terminal, the log and the server), and no second address
// (a "," or ";" outside a quoted display name, or a second "@"), which
// would put a recipient in "To:" that the envelope never got.
// "\"Weber, Jonas\" <jonas@x.test>" is one recipient.
[[nodiscard]] bool IsSendableAddress(QStringView cell);

} // namespace varnholt
