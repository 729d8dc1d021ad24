#pragma once

#include <zelm/Export.h>

#include <string>

namespace Zelm {

// The outcome of a component operation, returned by value. The default value
// means success; a failure carries a code, a category and a message.
class ZELM_API Error {
public:
    // Which kind of component produced the code.
    enum Category {
        Discovery = 0,  // browsing: a DNS-SD code, or 0 when something was found
        Framework = 1,  // the host framework's own errors (busy components and the like)
        Service = 2     // resolution, address lookup and registration: a DNS-SD code
    };

    Error();
    Error(const unsigned int& code, const Category& category, const std::string& message);
    Error(const Error& other);
    Error& operator=(const Error& other);
    virtual ~Error();

    unsigned int code() const { return code_; }
    Category category() const { return category_; }
    const std::string& message() const { return message_; }

    // True for the default (success) value and for any error whose code is 0.
    bool ok() const { return code_ == 0; }

private:
    unsigned int code_;
    Category category_;
    std::string message_;
};

}  // namespace Zelm
