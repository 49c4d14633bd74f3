#include "messagebox.h"

#include <QApplication>
#include <QMessageBox>

namespace varnholt {

namespace {

MessageBoxHook &hook()
{
    static MessageBoxHook h;
    return h;
}

} // namespace

MessageBoxHook setMessageBoxHook(MessageBoxHook h)
{
    return std::exchange(hook(), std::move(h));
}

int ShowMessageBox(const QString &text, const QString &caption, int flags)
{
    if (hook())
        return hook()(text, caption, flags);

    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(caption);
    box.setText(text);
    switch (flags & 0xF0) {
    case mbIconError: box.setIcon(QMessageBox::Critical); break;
    case mbIconQuestion: box.setIcon(QMessageBox::Question); break;
    case mbIconWarning: box.setIcon(QMessageBox::Warning); break;
    case mbIconInformation: box.setIcon(QMessageBox::Information); break;
    default: break;
    }
    switch (flags & 0x0F) {
    case mbYesNoCancel:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        box.setDefaultButton((flags & mbDefButton2) ? QMessageBox::No : QMessageBox::Yes);
        break;
    case mbYesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton((flags & mbDefButton2) ? QMessageBox::No : QMessageBox::Yes);
        break;
    default:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    }
    box.setWindowModality((flags & mbTaskModal) ? Qt::ApplicationModal : Qt::WindowModal);
    switch (box.exec()) {
    case QMessageBox::Yes: return idYes;
    case QMessageBox::No: return idNo;
    case QMessageBox::Cancel: return idCancel;
    case QMessageBox::Ok: return idOk;
    default: // closed with Escape or the close box
        return (flags & 0x0F) == mbYesNo ? idNo : idCancel;
    }
}

} // namespace varnholt
