#include "ui/address_book.h"

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "calls/call_out.h"
#include "commands/text_helpers.h"
#include "core/command_queue.h"
#include "core/lifecycle.h"
#include "core/output.h"
#include "core/settings.h"
#include "platform/dialogs.h"
#include "ui/window_actions.h"
#include "ui/window_model.h"

namespace tc {

AddressBookState addressBookState;

namespace {

constexpr size_t HOST_LIMIT = 126;
constexpr size_t PASSWORD_LIMIT = 110;
constexpr size_t PORT_LIMIT = 6;
constexpr int LINES_PER_ENTRY = 4;
constexpr const char* COMMAND_PREFIX = "- ";

const char* const DIALOG_TITLE = "ADDRESS BOOK";
const char* const DIALOG_SUFFIX = "bk";

// Reads one line of the book, as a text-mode read does: a CR before the line feed is dropped.
// Returns its length, or -1 when the line is missing (end of file, too long, read error).
int readBookLine(int fd, std::string& out) {
    char buf[256];
    int n = readTextLine(fd, buf);
    if (n < 0) {
        out.clear();
        return -1;
    }
    out.assign(buf, static_cast<size_t>(n));
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return static_cast<int>(out.size());
}

int openBook(const std::string& name) {
    if (name.empty()) return -1;
    return ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
}

std::string askForBook() {
    return dialogs().openFile(DIALOG_TITLE, DIALOG_SUFFIX);
}

void errorBox(const char* text) {
    dialogs().ask("ERROR", text, DialogButtons::ok);
}

// Lists the labels of the book from the current position, entry by entry, until an empty or
// missing label. An entry with a missing host, port or password line closes the book.
void listBook() {
    int fd = addressBookState.fd;
    std::string label, host, port, password;
    if (readBookLine(fd, label) <= 0) return;
    for (;;) {
        bool valid = readBookLine(fd, host) > 0 && readBookLine(fd, port) > 0 &&
                     readBookLine(fd, password) >= 0;
        if (!valid) {
            message("Invalid Address Book Entry\n");
            closeAddressBook();
            return;
        }
        appendAddressRow(label);
        if (readBookLine(fd, label) <= 0) return;
    }
}

// Makes `fd` the open book and lists it from its start.
void showBook(int fd) {
    addressBookState.fd = fd;
    setAddressRows({});
    setControlVisible(Control::panelWindow, false);
    setControlVisible(Control::addressBookList, true);
    listBook();
}

// Reads the label of entry `row`, fetched again from the file by its position. The file is
// left at the entry's second line.
std::string entryLabel(int fd, int row) {
    ::lseek(fd, 0, SEEK_SET);
    std::string line;
    for (int i = 0; i < LINES_PER_ENTRY * row; ++i)
        readBookLine(fd, line);
    readBookLine(fd, line);
    return line;
}

bool isLink(const std::string& label) {
    return !label.empty() && label[0] == '+';
}
bool isCurrentBookLink(const std::string& label) {
    return label.size() > 1 && label[1] == '+';
}

void openFirstBook() {
    int fd = openBook(settings.addressBookFile.get());
    if (fd < 0) {
        std::string chosen = askForBook();
        fd = openBook(chosen);
    }
    if (fd < 0) {
        message("Address Book Not Found\n");
        return;
    }
    showBook(fd);
}

// Follows the link entry whose label was just read: the file it names replaces the book.
void followLink(int fd, const std::string& label) {
    setAddressRows({});
    std::string file;
    readBookLine(fd, file);
    ::close(fd);
    addressBookState.fd = -1;
    int next = openBook(file);
    if (next < 0) {
        std::string chosen = askForBook();
        next = openBook(chosen);
        if (next < 0) {
            closeAddressBook();
            return;
        }
        file = chosen;
    }
    if (isCurrentBookLink(label)) settings.addressBookFile.set(file);
    showBook(next);
}

void callThreadBody() {
    callFromFields();
}

} // namespace

void resetAddressBook() {
    int fd = addressBookState.fd.exchange(-1);
    if (fd >= 0) ::close(fd);
}

void closeAddressBook() {
    int fd = addressBookState.fd.exchange(-1);
    if (fd >= 0) ::close(fd);
    setAddressRows({});
    setControlVisible(Control::addressBookList, false);
    setControlVisible(Control::panelWindow, true);
}

void addressBookButton() {
    settings.dnsUpdateActive = 0;
    int fd = addressBookState.fd;
    if (fd < 0) {
        openFirstBook();
        return;
    }
    int row = addressSelectionRow();
    if (row < 0) {
        closeAddressBook();
        return;
    }
    std::string label = entryLabel(fd, row);
    if (!isLink(label)) {
        closeAddressBook();
        return;
    }
    followLink(fd, label);
}

void addressBookMenu() {
    std::string chosen = askForBook();
    if (chosen.empty()) return;
    settings.addressBookFile.set(chosen);
    addressBookButton();
}

int callButton() {
    settings.dnsUpdateActive = 0;
    int fd = addressBookState.fd;
    if (fd >= 0) {
        int row = addressSelectionRow();
        if (row < 0) {
            errorBox("No Address Book Entry Selected");
            return 1;
        }
        if (isLink(entryLabel(fd, row))) {
            errorBox("Cannot Call Address Book - Click ADDRESS BOOK Button To Open");
            return 1;
        }
        std::string host, port, password;
        readBookLine(fd, host);
        readBookLine(fd, port);
        setControlText(Control::hostField, host);
        setControlText(Control::portField, port);
        // An entry without a password keeps whatever the field holds.
        if (readBookLine(fd, password) > 0) setControlText(Control::pswdField, password);
        closeAddressBook();
    }
    if (startRetiringThread(callThreadBody) == 0) return 0;
    message("Call Thread Error\n");
    return 1;
}

int callFromFields() {
    std::string host = readField(Control::hostField, HOST_LIMIT);
    if (host.empty()) {
        errorBox("No IP or Domain Name");
        return 1;
    }
    if (host.rfind(COMMAND_PREFIX, 0) == 0) {
        if (queueWindowCommand(host.substr(2)) != 0) return 1;
    } else {
        std::string password = readField(Control::pswdField, PASSWORD_LIMIT);
        std::string port = readField(Control::portField, PORT_LIMIT);
        if (port.empty()) {
            errorBox("No Port Number");
            return 1;
        }
        int portNumber = std::atoi(port.c_str());
        output(NoConsole, "Placing Call to %s %d [%s]\n", host.c_str(), portNumber,
               password.c_str());
        // A failed call leaves the fields as they are, to be corrected and tried again.
        if (placeCall(host, portNumber, password, 0) != 0) return 1;
    }
    resetField(Control::hostField);
    resetField(Control::pswdField);
    resetField(Control::portField);
    return 0;
}

} // namespace tc
