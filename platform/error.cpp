#include "platform/error.h"

#include <utility>

namespace veldon {

Error::Error(long number, std::string description)
    : std::runtime_error(description), m_number(number), m_description(std::move(description)) {}

}  // namespace veldon
