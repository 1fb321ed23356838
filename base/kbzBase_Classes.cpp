#include "base/kbzBase_Classes.h"

namespace kbz
{

std::string kbzExceptionMessage(const std::exception& e)
{
    return e.what();
}

std::string kbzExceptionClassName(const std::exception& e)
{
    if (const auto* own = dynamic_cast<const Exception*>(&e))
    {
        return own->ClassName();
    }
    return "Exception";
}

} // namespace kbz
