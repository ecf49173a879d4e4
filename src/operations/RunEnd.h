#pragma once

#include "operations/Interaction.h"

namespace plombar::operations {

// Calls Interaction::runEnded when a flow's run leaves its scope, whichever way it does.
class RunEnd {
public:
    explicit RunEnd(Interaction& interaction) noexcept : interaction_(interaction) {}
    RunEnd(const RunEnd&) = delete;
    RunEnd& operator=(const RunEnd&) = delete;
    ~RunEnd() { interaction_.runEnded(); }

private:
    Interaction& interaction_;
};

} // namespace plombar::operations
