#include "Unit1.h"

namespace plombar::app {

// The handler of its button: signs SignFileName with a certificate from the store "MY", optionally as Base64
// and packed with the file into a 7z archive. Written together with the operation in the crypto layer.
void TForm1::Button1Click() {}

} // namespace plombar::app
