// What a card keeps across power cycles beyond its sectors: its password and
// its temporary write protection. For an image they live beside it in
// IMAGE.state; the demo card keeps them in memory.
#pragma once

#include <string>

#include "base/outcome.h"
#include "sim/settings.h"

class CardState {
public:
    // Reads IMAGE.state, if there is one; one that cannot be read or makes
    // no sense is refused.
    Outcome open(const SimSettings& settings);
    // Writes the state back (whole or not at all); says so and gives false
    // when it cannot.
    [[nodiscard]] bool save() const;

    // True when a state file was read, so that it overrides the CSD's bit.
    [[nodiscard]] bool loaded() const { return loaded_; }

    std::string password;  // empty: none
    bool temporary_protect = false;

private:
    std::string path_;  // empty: kept in memory only
    bool loaded_ = false;
};
