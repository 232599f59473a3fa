// --live's option and the trigger rate live view sends.
#include "LiveCommand.h"

LiveOptionTable::LiveOptionTable()
    : live("live", "Open the window, open the camera and start live view at once: frames as "
          "the camera sends them, for a monitor (Ctrl+L in the window). With --record PATH: "
          "and record from the start (Ctrl+R in the window).")
{
}

Usage ReadLiveTriggerRate(const ParsedOptions& options, LiveCommand* live)
{
    if (!options.IsSet(QStringLiteral("trigger-rate")) || options.IsSet(QStringLiteral("check")))
        return std::nullopt;
    if (!options.IsSet(QStringLiteral("live")))
        return std::string("--trigger-rate goes with --check --trigger software or --live");
    const QString text = options.Value(QStringLiteral("trigger-rate"));
    double rate = 0;
    if (!NumberIn(text, 0.1, 1000, &rate))
        return ("--trigger-rate needs triggers a second from 0.1 to 1000, got '" + text + "'").toStdString();
    live->triggerRate = rate;
    return std::nullopt;
}
