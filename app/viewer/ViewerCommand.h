// --inspect: the viewer window opened with the window's live view.
#pragma once

#include "app/Options.h"

#include <QCommandLineOption>

struct ViewerOptionTable {
    QCommandLineOption inspect;

    ViewerOptionTable();
};

// --inspect goes with --live (and --live --record): the viewer shows what
// the window shows. Sets *inspect when it is given.
Usage ReadInspect(const ParsedOptions& options, const ViewerOptionTable& table, bool* inspect);
