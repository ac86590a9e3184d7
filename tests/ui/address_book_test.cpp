#include <fstream>

#include "commands/command_thread.h"
#include "core/lifecycle.h"
#include "platform/clock.h"
#include "ui/ui_fixture.h"

namespace tc::test {
namespace {

class AddressBook : public UiFixture {
  protected:
    // Writes a book; each entry of `lines` is one line, ended by a line feed unless it is the
    // last one and `lastLineEnded` is false.
    std::string book(const std::string& name, const std::vector<std::string>& lines,
                     bool lastLineEnded = true) {
        std::string path = dir.file(name);
        std::ofstream out(path, std::ios::binary);
        for (size_t i = 0; i < lines.size(); ++i) {
            out << lines[i];
            if (i + 1 < lines.size() || lastLineEnded) out << "\n";
        }
        return path;
    }
    bool bookShown() {
        bool list = controlVisible(Control::addressBookList);
        EXPECT_NE(list, controlVisible(Control::panelWindow)) << "exactly one of the two is shown";
        return list;
    }
    void useBook(const std::string& path) { settings.addressBookFile.set(path); }
    // Waits for the CALL threads to end and joins them.
    void finishCallThreads() {
        for (int i = 0; i < 200 && retiredThreadCount() == 0; ++i)
            sleepMs(10);
        reapThreads();
    }
};

TEST_F(AddressBook, ListsLabelsUntilAnEmptyLabelLine) {
    useBook(book("address.bk", {"Office", "10.0.0.5", "8192", "", "Home", "127.0.0.1", "9000", "pw",
                                "", "Ignored", "1.2.3.4", "1", ""}));
    pressControl(Control::addressBookButton);
    EXPECT_TRUE(bookShown());
    EXPECT_EQ(addressRowTexts(), (std::vector<std::string>{"Office", "Home"}));
    EXPECT_EQ(console.take(), "");

    // No entry selected: the button hides the book; so does an ordinary entry.
    pressControl(Control::addressBookButton);
    EXPECT_FALSE(bookShown());
    EXPECT_EQ(addressBookState.fd, -1);
    pressControl(Control::addressBookButton);
    setAddressSelection(1);
    pressControl(Control::addressBookButton);
    EXPECT_FALSE(bookShown());
    EXPECT_TRUE(addressRowTexts().empty());
}

TEST_F(AddressBook, InvalidEntryClosesTheBook) {
    useBook(book("address.bk", {"One", "10.0.0.1", "1", "", "Two", "10.0.0.2", "2", "", "Three",
                                "10.0.0.3", "", ""}));
    pressControl(Control::addressBookButton);
    EXPECT_EQ(console.take(), "Invalid Address Book Entry\n");
    EXPECT_FALSE(bookShown());
    EXPECT_EQ(addressBookState.fd, -1);

    // A last password line without its line feed is missing too.
    useBook(book("b2.bk", {"One", "10.0.0.1", "1", "secret"}, false));
    pressControl(Control::addressBookButton);
    EXPECT_EQ(console.take(), "Invalid Address Book Entry\n");
    EXPECT_FALSE(bookShown());

    // CR LF line ends read as plain line ends.
    useBook(book("dos.bk", {"Dos\r", "10.0.0.9\r", "77\r", "\r"}));
    pressControl(Control::addressBookButton);
    EXPECT_EQ(addressRowTexts(), std::vector<std::string>{"Dos"});
}

TEST_F(AddressBook, MissingBookAsksForAFile) {
    useBook(dir.file("none.bk"));
    pressControl(Control::addressBookButton); // the dialog is cancelled
    EXPECT_EQ(console.take(), "Address Book Not Found\n");
    EXPECT_EQ(dialogs.fileDialogs(), std::vector<std::string>{"ADDRESS BOOK"});
    EXPECT_FALSE(bookShown());

    // A file picked in the dialog is listed but does not become the current book.
    std::string other = book("other.bk", {"X", "10.0.0.1", "1", ""});
    dialogs.chooseFile(other);
    pressControl(Control::addressBookButton);
    EXPECT_EQ(addressRowTexts(), std::vector<std::string>{"X"});
    EXPECT_EQ(settings.addressBookFile.get(), dir.file("none.bk"));

    // File, Address Book makes the chosen file the current book.
    pressControl(Control::addressBookButton);
    dialogs.chooseFile(other);
    menuCommand(MENU_ADDRESS_BOOK);
    EXPECT_TRUE(bookShown());
    EXPECT_EQ(settings.addressBookFile.get(), other);
}

TEST_F(AddressBook, LinksAreFollowedAndDoublePlusBecomesTheCurrentBook) {
    std::string team =
        book("team.bk", {"Ann", "10.0.0.7", "8192", "", "Bob", "10.0.0.8", "8192", ""});
    std::string first = book("address.bk", {"Office", "10.0.0.5", "8192", "", "+Team", team, "0",
                                            "", "++Team", team, "0", ""});
    auto follow = [this](int row) {
        pressControl(Control::addressBookButton);
        setAddressSelection(row);
        pressControl(Control::addressBookButton);
    };
    useBook(first);
    follow(1); // "+": the linked book is listed, the current book stays
    EXPECT_TRUE(bookShown());
    EXPECT_EQ(addressRowTexts(), (std::vector<std::string>{"Ann", "Bob"}));
    EXPECT_EQ(settings.addressBookFile.get(), first);
    pressControl(Control::addressBookButton); // no selection: closed
    EXPECT_FALSE(bookShown());
    follow(2); // "++": the linked book becomes the current one
    EXPECT_EQ(addressRowTexts(), (std::vector<std::string>{"Ann", "Bob"}));
    EXPECT_EQ(settings.addressBookFile.get(), team);

    // A link whose file is gone, with the dialog cancelled, closes the book without a word.
    pressControl(Control::addressBookButton);
    useBook(book("broken.bk", {"++Gone", dir.file("gone.bk"), "0", ""}));
    follow(0);
    EXPECT_FALSE(bookShown());
    EXPECT_EQ(console.take(), "");
    // Replaced in the dialog, the picked file is listed and, for "++", becomes the book.
    dialogs.chooseFile(team);
    follow(0);
    EXPECT_EQ(addressRowTexts(), (std::vector<std::string>{"Ann", "Bob"}));
    EXPECT_EQ(settings.addressBookFile.get(), team);
}

TEST_F(AddressBook, CallFromAnEntryFillsTheFields) {
    int closedPort = freePort();
    std::string path = book("address.bk", {"Lab", "127.0.0.1", std::to_string(closedPort), "",
                                           "+More", "x.bk", "0", ""});
    useBook(path);
    pressControl(Control::addressBookButton);

    EXPECT_EQ(callButton(), 1);
    ASSERT_EQ(dialogs.questions().size(), 1u);
    EXPECT_EQ(dialogs.questions()[0].title, "ERROR");
    EXPECT_EQ(dialogs.questions()[0].text, "No Address Book Entry Selected");

    setAddressSelection(1);
    EXPECT_EQ(callButton(), 1);
    EXPECT_EQ(dialogs.questions().back().text,
              "Cannot Call Address Book - Click ADDRESS BOOK Button To Open");
    EXPECT_TRUE(bookShown());

    // An entry without a password keeps the password field; the book closes; the call to a
    // port where nothing listens fails and leaves the fields for another try.
    setControlText(Control::pswdField, "kept");
    setAddressSelection(0);
    settings.dnsUpdateActive = 1;
    ASSERT_EQ(callButton(), 0);
    EXPECT_EQ(settings.dnsUpdateActive, 0);
    EXPECT_FALSE(bookShown());
    finishCallThreads();
    EXPECT_EQ(field(Control::hostField), "127.0.0.1");
    EXPECT_EQ(field(Control::portField), std::to_string(closedPort));
    EXPECT_EQ(field(Control::pswdField), "kept");
    EXPECT_NE(
        panelText().find("Placing Call to 127.0.0.1 " + std::to_string(closedPort) + " [kept]"),
        std::string::npos);
    EXPECT_EQ(linesInUse(), 0);
}

TEST_F(AddressBook, CallFromTheFields) {
    setControlText(Control::hostField, "");
    EXPECT_EQ(callFromFields(), 1);
    setControlText(Control::hostField, "127.0.0.1");
    setControlText(Control::portField, "");
    EXPECT_EQ(callFromFields(), 1);
    auto asked = dialogs.questions();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].text, "No IP or Domain Name");
    EXPECT_EQ(asked[1].text, "No Port Number");
    EXPECT_EQ(asked[1].title, "ERROR");
    EXPECT_EQ(field(Control::hostField), "127.0.0.1");

    // A minus and a space: the rest is queued as a command, no call is placed.
    setControlText(Control::hostField, "- Hold -1");
    EXPECT_EQ(callFromFields(), 0);
    {
        std::lock_guard lock(commandState.mutex);
        EXPECT_STREQ(commandState.queue.commandBuffer, "Hold -1");
        EXPECT_EQ(commandState.queue.commandCount, 1);
    }
    EXPECT_EQ(outputState.commandSource, -2);
    EXPECT_EQ(linesInUse(), 0);
    EXPECT_EQ(field(Control::hostField), "localhost");
    EXPECT_EQ(field(Control::portField), "8192");
    EXPECT_EQ(dialogs.questions().size(), 2u);
}

} // namespace
} // namespace tc::test
