// An address book file of any content: opened and listed, then entries selected and the
// ADDRESS BOOK button pressed, following links to other books. Byte 0 picks the rows selected
// in two presses; the rest is the book. Slashes become '_', so every link names a file of the
// scratch folder (the book itself, "." or one that is missing).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/output.h"
#include "core/settings.h"
#include "fuzz_support.h"
#include "ui/address_book.h"
#include "ui/window_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tc::fuzz::QuietConsole console;
    static tc::fuzz::QuietDialogs dialogs;
    static const std::string folder = tc::fuzz::scratchFolder();
    if (size < 1) return 0;
    tc::resetSettings();
    tc::resetWindowModel();
    tc::resetAddressBook();
    tc::attachConsole(&console);
    tc::setDialogs(&dialogs);
    std::vector<uint8_t> book(data + 1, data + size);
    std::replace(book.begin(), book.end(), uint8_t('/'), uint8_t('_'));
    tc::fuzz::writeFile("book", book.data(), book.size());
    tc::settings.addressBookFile.set("book");
    tc::addressBookButton(); // opens and lists the book
    for (int press = 0; press < 2; ++press) {
        if (tc::addressBookState.fd < 0) break;
        int row = (data[0] >> (4 * press)) & 0xF;
        if (row >= static_cast<int>(tc::addressRowTexts().size())) break;
        tc::setAddressSelection(row);
        tc::addressBookButton(); // a link opens the book it names, anything else closes
    }
    for (const std::string& label : tc::addressRowTexts())
        if (label.size() > 254) __builtin_trap();
    tc::resetAddressBook();
    tc::setDialogs(nullptr);
    tc::attachConsole(nullptr);
    return 0;
}
