// The program's icon (icons/veldon.svg) with a mark of the state in its lower right corner.
#pragma once

#include <QIcon>

#include "app/shopstatus.h"

namespace veldon::ui {

QIcon stateIcon(TrayState state);

}  // namespace veldon::ui
