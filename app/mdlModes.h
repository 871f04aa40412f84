// The product identity: the values that name the product to the user.
#pragma once

#include <string>

#include "platform/Forms.h"

namespace ostrada::app {

struct ProductIdentity {
    std::u16string productName;
    std::u16string productVersion;
    std::u16string titleColorText;  // the title strip's colour, as decimal text
};

// Held for the life of the process; empty until InitProductIdentity runs.
inline ProductIdentity productIdentity;

// Assigns the identity values and sets the application title. Running it
// again changes nothing.
void InitProductIdentity(platform::Application& app);

}  // namespace ostrada::app
