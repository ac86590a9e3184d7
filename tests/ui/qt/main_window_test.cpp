// The window on the offscreen platform, driven like a user: keys typed into the real fields,
// clicks on the real buttons and list rows, a call placed to a second, headless copy of the
// program on 127.0.0.1 and dropped again, the console window, a third copy on the same port;
// and questions asked from other threads.
#include <gtest/gtest.h>

#include <QTest>
#include <QtWidgets>
#include <thread>

#include "app/program.h"
#include "core/line_table.h"
#include "core/output.h"
#include "platform/store.h"
#include "support/program_copy.h"
#include "ui/line_list.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_dialogs.h"
#include "ui/qt/qt_program.h"
#include "ui/qt/window_console.h"
#include "ui/window_actions.h"

namespace tc::test {
namespace {

// Each case builds its application (ctest picks the offscreen platform).
int argc = 1;
char* argv[] = {const_cast<char*>("ui_qt_tests"), nullptr};

// A message box on the screen, or null.
QMessageBox* openBox() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
    return nullptr;
}

// Started with "/I" and a port (no system tray offscreen): the title and the tray tip carry the
// port, and the window is a normal one the window manager places.
TEST(MainWindowView, CallPlacedFromTheFieldsThenDroppedFreesBothSides) {
    QApplication app(argc, argv);
    TempDir dir;
    setStorePath(dir.file("window.conf"));
    ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    ProgramCopy bob(dir, "bob");
    ASSERT_TRUE(bob.start({.id = "Bob", .password = "letmein"}) && bob.waitReady())
        << describe(bob);
    settings.trayIcon = 1; // as main() decides from "/I" before the window is made
    QtProgram view;
    LaunchOptions options;
    options.audio = "null";
    std::string port = std::to_string(freePort()), title = "Talkcircle  " + port;
    ASSERT_EQ(view.start([&] { return runProgram(options, {"/I", "Alice", port}); }), 0);
    MainWindow& window = view.window();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.windowTitle() == title.c_str(); }, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.findChild<QSystemTrayIcon*>(); }, 2000));
    EXPECT_EQ(window.findChild<QSystemTrayIcon*>()->toolTip(), title.c_str());
    EXPECT_TRUE(window.isVisible() && window.windowType() == Qt::Window);
    EXPECT_FALSE(window.testAttribute(Qt::WA_Moved));

    // The console window shows UTF-8 as the main window does; Ctrl+C there prints "\n> ".
    menuCommand(MENU_CONSOLE);
    auto screen = [&] {
        QString rows = view.consoleWindow().screenView()->toPlainText();
        return rows.remove(QRegularExpression(" +(?=\n)")).trimmed();
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return screen().endsWith("\n>"); }));
    message("From Zo\u00eb: Gr\u00fc\u00dfe\n");
    QTest::keyClick(view.consoleWindow().input(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return screen().endsWith("Zo\u00eb: Gr\u00fc\u00dfe\n\n>"); }));
    // Typed into the fields and placed with CALL: the call goes through only if the port field
    // drops the letter (a port read as "x..." is 0).
    for (auto [name, text] : {std::pair<const char*, std::string>{"hostField", "127.0.0.1"},
                              {"portField", "x" + bob.portText()},
                              {"pswdField", "letmein"}}) {
        window.findChild<QLineEdit*>(name)->selectAll();
        QTest::keyClicks(window.findChild<QLineEdit*>(name), QString::fromStdString(text));
    }
    QTest::mouseClick(window.findChild<QPushButton*>("callButton"), Qt::LeftButton);
    auto* list = window.findChild<QListWidget*>("lineList");
    auto* states = window.findChild<QListWidget*>("stateColumn");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return states->count() == 1 && list->count() == 1 &&
                   states->item(0)->text() == "ACTIVE " && list->item(0)->text().endsWith("[Bob]");
        },
        10000));
    ASSERT_TRUE(bob.waitCalls(1)) << describe(bob);

    // A click on the row selects it (DROP would find no line otherwise); DROP ends the call on
    // both sides.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(0)).center());
    QTest::mouseClick(window.findChild<QPushButton*>("dropButton"), Qt::LeftButton);
    EXPECT_TRUE(bob.waitCalls(0)) << describe(bob);
    EXPECT_TRUE(QTest::qWaitFor([&] { return linesInUse() == 0 && list->count() == 0; }, 10000));

    // Minimised without a tray; a second copy on the port brings it forward and ends as a copy
    // refused by the instance lock does.
    window.menuAction(MENU_HIDE_MINIMIZE)->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.isMinimized(); }, 10000));
    ProgramProcess second;
    ASSERT_TRUE(second.start(TC_PROGRAM, {"--audio=null", "--config=" + dir.file("2"), "B", port},
                             {"XDG_RUNTIME_DIR=" + dir.path(), "QT_QPA_PLATFORM=offscreen"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isMinimized(); }, 10000));
    EXPECT_EQ(second.waitExit(15000), 1);
    second.finish();
    EXPECT_FALSE(second.sanitizerReported()) << second.errors();
    EXPECT_EQ(view.finish(), 0);
    EXPECT_EQ(bob.quit(), 0);
}

// A row clicked after the model's rows moved (line 2 ended, the view not yet redrawn) selects
// the line the row showed.
TEST(MainWindowView, AClickActsOnTheLineOfTheRowClickedAfterTheRowsMoved) {
    QApplication app(argc, argv);
    installWindowHooks();
    MainWindow window;
    for (int n : {2, 5, 7}) {
        lineTable[n].inUse = 1;
        rowUpdate(n);
    }
    setWindowShown(true);
    window.refresh();
    auto* list = window.findChild<QListWidget*>("lineList");
    rowUpdate(ROW_REMOVE + 2);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(1)).center());
    EXPECT_EQ(getSelectedLines(), std::vector<int>{5});
}

// Questions asked from other threads: a peer's text is shown as plain text, with the question
// mark, in front; answered by a click, or closed when the asking thread's cancel flag is raised
// (an incoming call that ends while its question is open).
TEST(MainWindowView, QuestionsFromOtherThreadsAnswerOrCancel) {
    QApplication app(argc, argv);
    QtDialogs dialogs;
    std::atomic<uint8_t> ending{0};
    const std::string text = "Accept Call From 127.0.0.1 9000 [<b>Bank</b>\n<a href=\"x\">y</a>]\n";
    for (auto [title, buttons, answer] :
         {std::tuple{"Incoming Call", DialogButtons::yesNo, DIALOG_YES},
          std::tuple{"Talkcircle Query", DialogButtons::ok, DIALOG_CLOSED}}) {
        std::atomic<int> got{-1};
        std::thread asker([&] { got = dialogs.ask(title, text, buttons, &ending); });
        ASSERT_TRUE(QTest::qWaitFor([&] { return openBox() && dialogs.openBoxes() == 1; }, 10000));
        QMessageBox* box = openBox();
        EXPECT_TRUE(box->textFormat() == Qt::PlainText && box->text().toStdString() == text &&
                    box->icon() == QMessageBox::Question &&
                    box->windowFlags() & Qt::WindowStaysOnTopHint)
            << title;
        if (answer == DIALOG_YES) QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
        ending = answer == DIALOG_CLOSED;
        EXPECT_TRUE(QTest::qWaitFor([&] { return got != -1 && !openBox(); }, 10000));
        asker.join();
        EXPECT_EQ(got, answer);
    }
    dialogs.stop(); // once the view stops, questions return at once
    std::thread([&] {
        EXPECT_EQ(dialogs.ask("Query", "Still there?", DialogButtons::ok), DIALOG_CLOSED);
    }).join();
}

} // namespace
} // namespace tc::test
