// Keyboard mnemonics underlined only while Alt is held, as GNOME, KDE and the
// desktop these dialogs come from all do; the mnemonics work either way.
#pragma once

namespace ui {

// Puts the application's style behind a proxy that draws mnemonic underlines
// only while Alt is down. Does nothing after the first call.
void UnderlineMnemonicsOnlyWithAlt();

}  // namespace ui
