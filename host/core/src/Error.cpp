#include <zelm/Error.h>

namespace Zelm {

Error::Error() : code_(0), category_(Discovery) {}

Error::Error(const unsigned int& code, const Category& category, const std::string& message)
    : code_(code), category_(category), message_(message) {}

Error::Error(const Error& other) = default;

Error& Error::operator=(const Error& other) = default;

Error::~Error() = default;

}  // namespace Zelm
