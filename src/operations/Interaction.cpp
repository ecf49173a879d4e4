#include "operations/Interaction.h"

namespace plombar::operations {

Interaction::~Interaction() = default;

} // namespace plombar::operations
