// What an Icon holds on the Qt side.
#pragma once

#include "Icon.h"

#include <QIcon>

namespace ui {

struct Icon::Data {
    QIcon icon;
};

}  // namespace ui
