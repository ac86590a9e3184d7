#pragma once
#include <atomic>

namespace tc {

// The open address book: its descriptor, -1 when no book is open. It stays open while its list
// is shown in place of the text panel.
struct AddressBookState {
    std::atomic<int> fd{-1};
};

extern AddressBookState addressBookState;

// Closes any open book and forgets it (tests).
void resetAddressBook();

// Closes the book: the list is emptied and hidden and the text panel shown again.
void closeAddressBook();

// The ADDRESS BOOK button: opens the book when none is shown, follows a selected link entry
// ("+" or "++"), and hides the book otherwise.
void addressBookButton();

// File, Address Book: asks for a book file; a chosen file becomes the current book and the
// button action follows.
void addressBookMenu();

// The CALL button: copies the selected entry (if a book is open) into the fields, then places
// the call from the fields on a thread of its own. Returns 0 when that thread was started.
int callButton();

// What the CALL thread does: reads the fields and places the call, or queues the command after
// "- ". Returns 0 when the call was placed or the command queued, 1 otherwise.
int callFromFields();

} // namespace tc
