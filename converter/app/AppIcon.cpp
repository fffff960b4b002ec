#include "AppIcon.h"

// The icon lives in a resource of a static library, whose registration the linker would
// drop unless something names it.
static void RegisterResources() { Q_INIT_RESOURCE(saltmark); }

namespace saltmark {

QIcon SaltmarkIcon()
{
    RegisterResources();
    return QIcon(QStringLiteral(":/saltmark/saltmark.png"));
}

}  // namespace saltmark
