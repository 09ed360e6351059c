#pragma once
// The one exception the starter raises on purpose: a fixed sentence for the user.

#include <stdexcept>
#include <string>

namespace qor {

class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace qor
