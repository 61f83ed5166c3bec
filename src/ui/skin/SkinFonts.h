// The window's font set: one face in two weights at fixed pixel heights,
// made once on the window thread and shared by every window (a widget never
// makes its own, except the list header's fallback). The face is asked for
// by name; where it is missing the fonts fall back to Liberation Sans, which
// the set-up script installs, so the window looks the same on every machine.
#pragma once
#include <QFont>
#include <QStringList>

namespace quorvex::ui {

class CFontSet {
 public:
  // Weight 500 at 10, 11, 12, 14, 15, 16 or 18 px; any other height gives 12 px.
  static const QFont& Regular(int pixels);
  // Weight 700 at 10, 11, 12, 14, 15, 16, 18, 32 or 42 px; any other height gives 42 px.
  static const QFont& Bold(int pixels);
  // The faces asked for, in order of preference.
  static QStringList Families();
};

}  // namespace quorvex::ui
