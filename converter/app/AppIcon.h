#pragma once

#include <QIcon>

namespace saltmark {

// The application icon: a buoy on the swell, sending.
QIcon SaltmarkIcon();

}  // namespace saltmark
