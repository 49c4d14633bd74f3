#include "aboutbox.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace varnholt {

QString programTitle()
{
    return QStringLiteral("Varnholt ") + QStringLiteral(VARNHOLT_VERSION);
}

QIcon applicationIcon()
{
    // Drawn for this program (icons/draw-icons.sh), one picture per size.
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/varnholt/icons/varnholt-%1.png").arg(size), QSize(size, size));
    return icon;
}

TAboutBox::TAboutBox(QWidget *parent)
    : QDialog(parent)
    , m_ok(new QPushButton(QStringLiteral("&OK"), this))
{
    setWindowTitle(QStringLiteral("About Varnholt"));
    auto *picture = new QLabel(this);
    picture->setPixmap(applicationIcon().pixmap(64));
    picture->setAlignment(Qt::AlignCenter);
    auto *name = new QLabel(QStringLiteral("<h2>Varnholt</h2>"), this);
    auto *details = new QLabel(QStringLiteral("Version %1<br>Personalised e-mail to mailing lists<br>Built with Qt %2, "
                                              "running on Qt %3")
                                   .arg(QStringLiteral(VARNHOLT_VERSION), QStringLiteral(QT_VERSION_STR),
                                        QString::fromLatin1(qVersion())),
                               this);
    name->setAlignment(Qt::AlignCenter);
    details->setAlignment(Qt::AlignCenter);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(picture);
    layout->addWidget(name);
    layout->addWidget(details);
    layout->addWidget(m_ok, 0, Qt::AlignHCenter);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    setMinimumWidth(320);
}

void TAboutBox::setSplash(bool splash)
{
    m_ok->setVisible(!splash);
    setWindowFlag(Qt::SplashScreen, splash);
}

} // namespace varnholt
