#include "errors.h"

#include "pattern.h"
#include "raisederror.h"

namespace fotarik::search {

void raiseInvalidPattern()
{
    throw RaisedError(ErrInvalidPattern, QStringLiteral("Fotarik"),
                      QStringLiteral("Ungültige Musterzeichenfolge"));
}

void raiseOverflow()
{
    throw RaisedError(ErrOverflow, QStringLiteral("Fotarik"), QStringLiteral("Überlauf"));
}

} // namespace fotarik::search
