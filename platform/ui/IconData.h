// What an Icon holds on the Qt side.
#pragma once

#include "Icon.h"

#include <QIcon>

namespace ui {

struct Icon::Data {
    int id = 0;
    QIcon icon;
};

}  // namespace ui
