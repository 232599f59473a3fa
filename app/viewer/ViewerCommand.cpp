// --inspect's option and where it may go.
#include "ViewerCommand.h"

ViewerOptionTable::ViewerOptionTable()
    : inspect("inspect", "With --live: also open the viewer window beside the dialog: zoom to 16:1, the "
                         "camera's samples under the pointer, histogram, focus and a status line (Ctrl+I or a "
                         "double click on the picture in the window).")
{
}

Usage ReadInspect(const ParsedOptions& options, const ViewerOptionTable& table, bool* inspect)
{
    if (!options.IsSet(table.inspect))
        return std::nullopt;
    if (!options.IsSet(QStringLiteral("live")))
        return std::string("--inspect opens the viewer beside the window's live view: it goes with --live");
    *inspect = true;
    return std::nullopt;
}
