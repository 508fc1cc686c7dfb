// The one failure a read can raise: it carries the message a user sees.
#pragma once

#include <stdexcept>

class ReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
