#include "errorcatalogue.h"

#include <QString>

namespace fotarik {

RaisedError makeError(const ErrorEntry& entry, int32_t number, const char* source)
{
    return RaisedError(number, QString::fromLatin1(source ? source : entry.source),
                       QString::fromUtf8(entry.text));
}

RaisedError makeError(const ErrorEntry& entry, const char* source)
{
    return makeError(entry, entry.number, source);
}

void raise(const ErrorEntry& entry, const char* source)
{
    throw makeError(entry, source);
}

void raiseInvalidArgument()
{
    raise(errors::InvalidArgument);
}
void raiseOverflow(const char* source)
{
    raise(errors::Overflow, source);
}
void raiseDivisionByZero()
{
    raise(errors::DivisionByZero);
}
void raiseFileNotFound(const char* source)
{
    raise(errors::FileNotFound, source);
}
void raiseDeviceUnavailable()
{
    raise(errors::DeviceUnavailable);
}
void raisePathFileAccess(const char* source)
{
    raise(errors::PathFileAccess, source);
}
void raisePathNotFound(const char* source)
{
    raise(errors::PathNotFound, source);
}
void raiseObjectVariableNotSet(const char* source)
{
    raise(errors::ObjectVariableNotSet, source);
}
void raiseInvalidPattern()
{
    raise(errors::InvalidPattern);
}
void raiseInvalidPropertyIndex()
{
    raise(errors::InvalidPropertyIndex);
}
void raiseClipboardUnavailable()
{
    raise(errors::Clipboard);
}
void raiseNotAScrollBar()
{
    raise(errors::NotAScrollBar);
}

void raiseNotAListBox(const char* source)
{
    raise(errors::NotAListBox, source);
}
void raiseListIndexOutOfRange()
{
    raise(errors::ListIndexOutOfRange);
}

void raiseListReadFailed(int32_t number)
{
    throw makeError(errors::ListReadFailed, number);
}

void raiseListIndexNotSet(int32_t number)
{
    if (number == ErrInvalidListIndex)
        throw RaisedError(number, QString::fromLatin1(errors::ListSelectFailed.source),
                          QString::fromUtf8(errors::ListIndexOutOfRange.text));
    throw makeError(errors::ListSelectFailed, number);
}

} // namespace fotarik
