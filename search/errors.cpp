#include "errors.h"

#include "errorcatalogue.h"

namespace fotarik::search {

void raiseInvalidPattern()
{
    fotarik::raiseInvalidPattern();
}

void raiseOverflow()
{
    fotarik::raiseOverflow();
}

} // namespace fotarik::search
