// The window on the offscreen platform, driven like a user: keys typed into the real fields,
// clicks on the real buttons and list rows, a call placed to a second, headless copy of the
// program on 127.0.0.1 and dropped again; and questions asked from other threads.
#include <gtest/gtest.h>

#include <QTest>
#include <QtWidgets>
#include <thread>

#include "app/program.h"
#include "core/line_table.h"
#include "platform/store.h"
#include "support/program_copy.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_dialogs.h"
#include "ui/qt/qt_program.h"

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

TEST(MainWindowView, CallPlacedFromTheFieldsThenDroppedFreesBothSides) {
    QApplication app(argc, argv);
    TempDir dir;
    setStorePath(dir.file("window.conf"));
    ProgramCopy bob(dir, "bob", TC_PROGRAM);
    ASSERT_TRUE(bob.start({.id = "Bob", .password = "letmein"}) && bob.waitReady())
        << describe(bob);
    QtProgram view;
    // The console outlives the view by design (threads may still hold it): kept reachable.
    [[maybe_unused]] static void* volatile console = &view.console();
    LaunchOptions options;
    options.audio = "null";
    ASSERT_EQ(view.start([&options] { return runProgram(options, {"Alice"}); }), 0);
    MainWindow& window = view.window();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.isVisible(); }, 10000));

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
    EXPECT_EQ(view.finish(), 0);
    EXPECT_EQ(bob.quit(), 0);
}

// Questions asked from other threads: answered by a click, or closed when the asking thread's
// cancel flag is raised (an incoming call that ends while its question is open).
TEST(MainWindowView, QuestionsFromOtherThreadsAnswerOrCancel) {
    QApplication app(argc, argv);
    QtDialogs dialogs;
    std::atomic<uint8_t> ending{0};
    for (int answer : {DIALOG_YES, DIALOG_CLOSED}) {
        std::atomic<int> got{-1};
        std::thread asker(
            [&] { got = dialogs.ask("Incoming Call", "Accept?", DialogButtons::yesNo, &ending); });
        ASSERT_TRUE(QTest::qWaitFor([&] { return openBox() && dialogs.openBoxes() == 1; }, 10000));
        EXPECT_TRUE(openBox()->windowFlags() & Qt::WindowStaysOnTopHint);
        if (answer == DIALOG_YES)
            QTest::mouseClick(openBox()->button(QMessageBox::Yes), Qt::LeftButton);
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
