#include "aboutbox.h"

#include "ui/common/msglanguage.h"

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
    m_ok->setObjectName(QStringLiteral("okButton"));
    auto *picture = new QLabel(this);
    picture->setPixmap(applicationIcon().pixmap(64));
    picture->setAlignment(Qt::AlignCenter);
    auto *name = new QLabel(QStringLiteral("<h2>Varnholt</h2>"), this);
    name->setObjectName(QStringLiteral("lblName"));
    name->setProperty("translate", false); // the program's name
    auto *tagline = new QLabel(QStringLiteral("Personalised e-mail to mailing lists"), this);
    tagline->setObjectName(QStringLiteral("tagline"));
    auto *details = new QLabel(
        QStringLiteral("Version %1 · Qt %2").arg(QStringLiteral(VARNHOLT_VERSION), QString::fromLatin1(qVersion())),
        this);
    details->setObjectName(QStringLiteral("details"));
    details->setProperty("translate", false); // numbers of this build
    name->setAlignment(Qt::AlignCenter);
    tagline->setAlignment(Qt::AlignCenter);
    details->setAlignment(Qt::AlignCenter);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(picture);
    layout->addWidget(name);
    layout->addWidget(tagline);
    layout->addWidget(details);
    layout->addWidget(m_ok, 0, Qt::AlignHCenter);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    setMinimumWidth(320);
    TranslationRegistry::instance().announce(this, nullptr);
}

void TAboutBox::setSplash(bool splash)
{
    m_ok->setVisible(!splash);
    setWindowFlag(Qt::SplashScreen, splash);
}

} // namespace varnholt
