#pragma once

#include <QDialog>

class QIcon;
class QPushButton;

// The About box: program name, version and the Qt version. At start-up it
// is shown as a splash without its "OK" button.
namespace varnholt {

class TAboutBox : public QDialog
{
    Q_OBJECT
public:
    explicit TAboutBox(QWidget *parent = nullptr);
    void setSplash(bool splash);

private:
    QPushButton *m_ok;
};

// The caption of the main window: "Varnholt 6.80".
[[nodiscard]] QString programTitle();
// The program's icon (bundled with the program), in every size it has.
[[nodiscard]] QIcon applicationIcon();

} // namespace varnholt
