#pragma once

#include <QString>

#include <array>
#include <optional>

// The custom colours of a colour dialog, kept per project in N.hcr (and
// N1.hcr to N3.hcr for the table dialog's three colour buttons): sixteen
// lines "ColorA=hhhhhh" to "ColorP=hhhhhh", the value as six hexadecimal
// digits, stored and read back as the number it is.
namespace varnholt {

using CustomColors = std::array<quint32, 16>;

// The colours of the file; a colour whose line is missing or malformed is
// white (0xFFFFFF), the colour dialog's own default. Nothing when the file
// cannot be read.
[[nodiscard]] std::optional<CustomColors> readColorFile(const QString &path);
// Failure is not reported to the user: the colours are a convenience.
bool writeColorFile(const QString &path, const CustomColors &colors);

} // namespace varnholt
