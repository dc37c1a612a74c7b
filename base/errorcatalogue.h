#pragma once
// Every error the program raises itself, in one table: number, usual source and German
// text. Code raises them through the named helpers below rather than writing a
// RaisedError out by hand, so a number and its text cannot drift apart.
//
// Sources name the module that raises (for messages and logs); where one error comes
// from several modules the helper takes the source.

#include <cstdint>

#include "raisederror.h"

namespace fotarik {

struct ErrorEntry
{
    int32_t number;
    const char* source; // the usual source; helpers that take a source override it
    const char* text;   // UTF-8
};

// Numbers that code compares with.
// Left behind by a list message sent to something that is no list window.
inline constexpr int32_t ErrInvalidWindowHandle = 1400;
// Left behind by a list message with an index outside the list.
inline constexpr int32_t ErrInvalidListIndex = 1413;

namespace errors {

inline constexpr ErrorEntry InvalidArgument{5, "Fotarik",
                                            "Ungültiger Prozeduraufruf oder ungültiges Argument"};
inline constexpr ErrorEntry Overflow{6, "Fotarik", "Überlauf"};
inline constexpr ErrorEntry DivisionByZero{11, "Fotarik", "Division durch Null"};
inline constexpr ErrorEntry FileNotFound{53, "Fotarik", "Datei nicht gefunden"};
inline constexpr ErrorEntry DeviceUnavailable{68, "DriveListBox", "Gerät nicht verfügbar"};
inline constexpr ErrorEntry PathFileAccess{75, "Fotarik", "Pfad/Datei-Zugriffsfehler"};
inline constexpr ErrorEntry PathNotFound{76, "DirListBox", "Pfad nicht gefunden"};
inline constexpr ErrorEntry ObjectVariableNotSet{91, "Fotarik",
                                                 "Objektvariable oder With-Blockvariable nicht festgelegt"};
inline constexpr ErrorEntry InvalidPattern{93, "Fotarik", "Ungültige Musterzeichenfolge"};
inline constexpr ErrorEntry InvalidPropertyIndex{381, "DirListBox", "Ungültiger Index für Eigenschaftenfeld"};
inline constexpr ErrorEntry Clipboard{521, "Fotarik", "Zwischenablage kann nicht geöffnet werden"};
// The scroll-bar wrapper's own error keeps its English text.
inline constexpr ErrorEntry NotAScrollBar{-2147220991 /* 0x80040201 */, "CLongScroll",
                                          "Client object must be a scrollbar."};

// The large-list access writes its own texts, each ending in a full stop, and keeps the
// number of the failure underneath (the list's last error) where there is one.
inline constexpr ErrorEntry NotAListBox{419, "mod_Listbox",
                                        "Zugriff auf dieses Objekt verweigert. Objekt ist keine Listbox."};
inline constexpr ErrorEntry ListIndexOutOfRange{9, "mod_Listbox.GetListItem",
                                                "Index außerhalb des gültigen Bereichs."};
inline constexpr ErrorEntry ListReadFailed{ErrInvalidWindowHandle, "mod_ListBox.GetListItem",
                                           "Element konnte nicht ausgelesen werden."};
inline constexpr ErrorEntry ListSelectFailed{ErrInvalidWindowHandle, "mod_Listbox.SetListIndex",
                                             "Konnte ListIndex nicht setzen."};

} // namespace errors

// The error an entry describes, from its usual source or from `source`.
RaisedError makeError(const ErrorEntry& entry, const char* source = nullptr);
RaisedError makeError(const ErrorEntry& entry, int32_t number, const char* source = nullptr);
[[noreturn]] void raise(const ErrorEntry& entry, const char* source = nullptr);

[[noreturn]] void raiseInvalidArgument();                                    // 5
[[noreturn]] void raiseOverflow(const char* source = "Fotarik");             // 6
[[noreturn]] void raiseDivisionByZero();                                     // 11
[[noreturn]] void raiseFileNotFound(const char* source = "Fotarik");         // 53
[[noreturn]] void raiseDeviceUnavailable();                                  // 68
[[noreturn]] void raisePathFileAccess(const char* source = "Fotarik");       // 75
[[noreturn]] void raisePathNotFound(const char* source);                     // 76
[[noreturn]] void raiseObjectVariableNotSet(const char* source = "Fotarik"); // 91
[[noreturn]] void raiseInvalidPattern();                                     // 93
[[noreturn]] void raiseInvalidPropertyIndex();                               // 381
[[noreturn]] void raiseClipboardUnavailable();                               // 521
[[noreturn]] void raiseNotAScrollBar();                                      // 0x80040201

// The large-list access. `source` is the operation ("mod_Listbox.AddItem", ...).
[[noreturn]] void raiseNotAListBox(const char* source); // 419
[[noreturn]] void raiseListIndexOutOfRange();           // 9
// Read failures carry the list's last error, or 1400 when the control offers no list.
[[noreturn]] void raiseListReadFailed(int32_t number = ErrInvalidWindowHandle);
// A selection with an index outside the list raises 1413 with the range text; any other
// failure the list's last error (1400 when the control offers no list).
[[noreturn]] void raiseListIndexNotSet(int32_t number = ErrInvalidWindowHandle);

} // namespace fotarik
