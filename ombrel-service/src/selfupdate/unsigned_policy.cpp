// The product's answer. This is the only definition in this file on purpose:
// the development variant links its own definition ahead of the library, so
// this object is then never taken in.
#include "selfupdate/update.hpp"

namespace ombrel::selfupdate {

extern const bool UNSIGNED_UPDATES_ALLOWED = false;

}  // namespace ombrel::selfupdate
