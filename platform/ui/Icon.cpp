// Loads icon resources from the images embedded in the program.
#include "IconData.h"

#include "DialogTemplate.h"

#include <QApplication>
#include <QStyle>

static void InitResources() { Q_INIT_RESOURCE(tarvik); }

namespace ui {

Icon LoadIcon(int resourceId)
{
    InitResources();
    const IconResource* res = FindIconResource(resourceId);
    if (!res)
        return {};
    auto data = std::make_shared<Icon::Data>();
    for (size_t i = 0; i < res->imageCount; ++i)
        data->icon.addFile(QString::fromUtf8(res->images[i].path),
                           QSize(res->images[i].size, res->images[i].size));
    if (data->icon.isNull())
        return {};
    return Icon(std::move(data));
}

int IconMetric()
{
    const QStyle* style = QApplication::style();
    return style ? style->pixelMetric(QStyle::PM_LargeIconSize) : 32;
}

}  // namespace ui
