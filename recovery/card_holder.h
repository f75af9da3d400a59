#pragma once

#include <string>

namespace tallon {

// The card holder's details written with a record; empty when the card was
// not looked up or not found.
struct CardHolder {
    std::string name;
    std::string staffNumber;
    std::string user1;
    std::string user2;
    std::string user3;
};

}  // namespace tallon
