#include "ui/common/childwindows.h"
#include "ui/common/focusframe.h"
#include "ui/common/inputform.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"
#include "ui/common/progaddress.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QApplication>
#include <QMdiArea>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>
#include <QTimer>

using namespace varnholt;

namespace varnholt {
class TSampleWindow : public QWidget
{
    Q_OBJECT
};
} // namespace varnholt

class TestUiCommon : public QObject
{
    Q_OBJECT
private slots:
    void messageBoxHookAnswers()
    {
        QString seen;
        int seenFlags = 0;
        setMessageBoxHook([&](const QString &text, const QString &caption, int flags) {
            seen = caption + "|" + text;
            seenFlags = flags;
            return int(idNo);
        });
        QCOMPARE(ShowMessageBox("Save changes?", "Confirm", 35), int(idNo));
        QCOMPARE(seen, "Confirm|Save changes?");
        QCOMPARE(seenFlags, 35);
        setMessageBoxHook({});
    }

    void messageBoxRealButtons()
    {
        // The real box: pressing its buttons gives the classic codes.
        auto press = [](QMessageBox::StandardButton which) {
            QTimer::singleShot(0, [which] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                QVERIFY(box);
                box->button(which)->click();
            });
        };
        press(QMessageBox::Cancel);
        QCOMPARE(ShowMessageBox("q", "c", 35), int(idCancel));
        press(QMessageBox::Yes);
        QCOMPARE(ShowMessageBox("q", "c", 8228), int(idYes));
        press(QMessageBox::Ok);
        QCOMPARE(ShowMessageBox("q", "c", 16), int(idOk));
    }

    void findChildWindowByType()
    {
        QMdiArea area;
        area.addSubWindow(new QWidget);
        auto *sample = new TSampleWindow;
        area.addSubWindow(sample);
        area.addSubWindow(new TSampleWindow);
        QCOMPARE(findChildWindow<TSampleWindow>(&area), sample); // the first created
        QCOMPARE(findChildWindow<QLineEdit>(&area), nullptr);
        QCOMPARE(findChildWindow<TSampleWindow>(nullptr), nullptr);
    }

    void messageListByIndex()
    {
        QWidget window;
        TMsgLanguage msl("TSample", {"File not found", "Attention"}, &window);
        QSignalSpy announced(&TranslationRegistry::instance(), &TranslationRegistry::windowCreated);
        TranslationRegistry::instance().announce(&window, &msl);
        QCOMPARE(announced.count(), 1);
        QVERIFY(TranslationRegistry::instance().windows().contains(&window));
        msl.setText(1, "Achtung");
        msl.setText(7, "ignored");
        QCOMPARE(msl.text(1), "Achtung");
        QCOMPARE(msl.text(7), QString());
        QCOMPARE(msl.count(), 2);
        msl.restoreDefaults();
        QCOMPARE(msl[1], "Attention");
    }

    void progressStopsAndFrees()
    {
        QPointer<TProgAddress> progress = TProgAddress::start(nullptr, "Load Address Book.. x");
        QCOMPARE(progress->windowTitle(), "Load Address Book.. x");
        progress->setMaximum(10);
        progress->stepForward();
        progress->stepForward();
        progress->stepBack();
        QCOMPARE(progress->position(), 1);
        QVERIFY(progress->keepResponsive());
        // Closing it by hand while the work runs is a "Stop", not a close.
        progress->close();
        QVERIFY(progress);
        QVERIFY(progress->stopped());
        QVERIFY(!progress->keepResponsive());
        progress->finish();
        QTRY_VERIFY(!progress);
    }

    void progressStopButton()
    {
        QPointer<TProgAddress> progress = TProgAddress::start(nullptr);
        QCOMPARE(progress->windowTitle(), "Open Address Book");
        QTest::mouseClick(progress->stopButton(), Qt::LeftButton);
        QVERIFY(progress->stopped());
        progress->finish();
        QTRY_VERIFY(!progress);
    }

    void delayedProgressOnlyForLongWork()
    {
        using namespace std::chrono_literals;
        int captions = 0;
        auto caption = [&captions] {
            ++captions;
            return QStringLiteral("Load Address Book.. big.txt");
        };

        // Work that ends within the delay never shows a window.
        {
            DelayedProgress quick(nullptr, caption, 10s);
            for (int i = 0; i <= 100; ++i)
                QVERIFY(quick.step(i, 100));
            QVERIFY(!quick.window());
        }
        QCOMPARE(captions, 0);

        // Longer work: the window appears once the delay has passed, with
        // the caption asked for then and the gauge where the work is.
        DelayedProgress slow(nullptr, caption, 30ms);
        QVERIFY(slow.step(1, 10));
        QVERIFY(!slow.window());
        QTRY_VERIFY((slow.step(3, 10), slow.window() != nullptr));
        QPointer<TProgAddress> shown = slow.window();
        QVERIFY(shown->isVisible());
        QCOMPARE(shown->windowTitle(), "Load Address Book.. big.txt");
        QCOMPARE(captions, 1);
        QCOMPARE(shown->maximum(), 10);
        QCOMPARE(shown->position(), 3);
        QVERIFY(slow.step(4, 10));
        QCOMPARE(shown.data(), slow.window());

        // "Stop" ends the work; the window goes when the work has ended.
        QTest::mouseClick(shown->stopButton(), Qt::LeftButton);
        QVERIFY(!slow.step(5, 10));
        QVERIFY(shown);
        slow.finish();
        QVERIFY(!slow.window());
        QTRY_VERIFY(!shown);
    }

    void inputFormCutsAndMasks()
    {
        TInputForm plain("Caption", "Prompt", "abc", 5, false);
        QVERIFY(!plain.maskBox()->isVisibleTo(&plain));
        QCOMPARE(plain.edit()->echoMode(), QLineEdit::Normal);
        plain.edit()->setText("abcdefgh");
        QCOMPARE(plain.value(), "abcde");

        TInputForm masked("Caption", "Password", "secret", 1000, true);
        QVERIFY(masked.maskBox()->isVisibleTo(&masked));
        QVERIFY(masked.maskBox()->isChecked());
        QCOMPARE(masked.edit()->echoMode(), QLineEdit::Password);
        masked.maskBox()->setChecked(false);
        QCOMPARE(masked.edit()->echoMode(), QLineEdit::Normal);
        masked.edit()->setText(QString(300, 'x'));
        QCOMPARE(masked.value().size(), 255);
    }

    void inputFormEnterAndEscape()
    {
        QString value = "old";
        QTimer::singleShot(0, [] {
            auto *form = qobject_cast<TInputForm *>(QApplication::activeModalWidget());
            QVERIFY(form);
            form->edit()->setText("new");
            QTest::keyClick(form->edit(), Qt::Key_Return);
        });
        QVERIFY(TInputForm::execute("C", "P", value, 255, false));
        QCOMPARE(value, "new");

        QTimer::singleShot(0, [] {
            auto *form = qobject_cast<TInputForm *>(QApplication::activeModalWidget());
            QVERIFY(form);
            form->edit()->setText("changed");
            QTest::keyClick(form->edit(), Qt::Key_Escape);
        });
        QVERIFY(!TInputForm::execute("C", "P", value, 255, false));
        QCOMPARE(value, "new");
    }

    // The current cell of a focused table is framed in a colour that stands
    // out from the cell (3:1 at least), whatever the palette.
    void focusFrameStandsOut_data()
    {
        QTest::addColumn<QPalette>("palette");
        QTest::addColumn<bool>("selected");
        const QPalette light = QApplication::style()->standardPalette();
        QPalette dark = light;
        dark.setColor(QPalette::Base, QColor(0x20, 0x20, 0x20));
        dark.setColor(QPalette::Window, QColor(0x30, 0x30, 0x30));
        dark.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
        dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
        dark.setColor(QPalette::Highlight, QColor(0x2a, 0x3f, 0x5a)); // too dark to stand out
        QPalette pale = light;
        pale.setColor(QPalette::Highlight, QColor(0xdd, 0xe8, 0xf4)); // about the base's colour
        QTest::newRow("desktop palette") << light << false;
        QTest::newRow("dark palette") << dark << false;
        QTest::newRow("pale highlight") << pale << false;
        QTest::newRow("selected cell") << light << true;
    }

    void focusFrameStandsOut()
    {
        QFETCH(QPalette, palette);
        QFETCH(bool, selected);
        FocusFrameStyle style;
        QStandardItemModel model(3, 3);
        QTableView view;
        view.setStyle(&style);
        view.setPalette(palette);
        view.setModel(&model);
        view.resize(400, 200);
        view.show();
        QApplication::setActiveWindow(&view);
        QVERIFY(QTest::qWaitForWindowActive(&view));
        view.setFocus();
        const QModelIndex cell = model.index(1, 1);
        view.selectionModel()->setCurrentIndex(cell, selected ? QItemSelectionModel::ClearAndSelect
                                                              : QItemSelectionModel::Clear);
        const QImage image = view.viewport()->grab().toImage();
        const QRect rect = view.visualRect(cell);
        const QColor inside = image.pixelColor(rect.center());
        const QColor frame = image.pixelColor(rect.left() + 1, rect.center().y());
        QVERIFY2(contrastRatio(frame, inside) >= 3.0,
                 qPrintable(QStringLiteral("%1 on %2: %3:1").arg(frame.name(), inside.name()).arg(contrastRatio(frame, inside))));
    }
};

QTEST_MAIN(TestUiCommon)
#include "tst_uicommon.moc"
