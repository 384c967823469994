// Linked only into ombrel-service-dev, the variant of the service that the
// tests run unsigned: it takes unsigned updates while it is unsigned itself.
// Never part of the product.
#include "selfupdate/update.hpp"

#if !defined(OMBREL_ALLOW_UNSIGNED_UPDATES) || !OMBREL_ALLOW_UNSIGNED_UPDATES
#error \
    "only the development variant, configured with OMBREL_ALLOW_UNSIGNED_UPDATES, takes this file"
#endif

namespace ombrel::selfupdate {

extern const bool UNSIGNED_UPDATES_ALLOWED = true;

}  // namespace ombrel::selfupdate
