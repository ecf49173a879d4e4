#include "CryptUI.h"

namespace plombar::app {

namespace {
Prompts* gPrompts = nullptr; // used on the user-interface thread only
} // namespace

void SetCryptUIPrompts(Prompts* prompts) {
    gPrompts = prompts;
}
Prompts* CryptUIPrompts() {
    return gPrompts;
}

} // namespace plombar::app
