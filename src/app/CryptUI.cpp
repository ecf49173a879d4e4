#include "CryptUI.h"

namespace plombar::app {

namespace {
IPrompts* gPrompts = nullptr; // used on the user-interface thread only
} // namespace

void SetCryptUIPrompts(IPrompts* prompts) {
    gPrompts = prompts;
}
IPrompts* CryptUIPrompts() {
    return gPrompts;
}

} // namespace plombar::app
