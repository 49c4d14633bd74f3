#pragma once

namespace varnholt {

// Connects the sending window's "Save As", "Delete from list", "View log
// file" and "Schedule" buttons to their dialogs. Called once at start-up.
void installSendingDialogs();

} // namespace varnholt
