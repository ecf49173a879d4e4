#include "Unit1.h"

namespace plombar::app {

// The handler of its button: encrypts EncryptFileName for a recipient certificate from the store or from
// RecipientCertFileName. Written together with the operation in the crypto layer.
void TForm1::Button7Click() {}

} // namespace plombar::app
