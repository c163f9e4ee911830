#pragma once

#include <stdexcept>
#include <string>

namespace zelvan {

// The one exception type of the program: a failure with a message readable by the user.
// Steps of a job catch it and turn it into an error-list line.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace zelvan
