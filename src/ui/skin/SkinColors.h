// The colours of the window's skin, named by their role.
#pragma once
#include <QColor>

namespace quorvex::ui::skin {

inline const QColor kWhite{255, 255, 255};
inline const QColor kLightBlue{160, 220, 255};
inline const QColor kNearWhite{250, 250, 250};
inline const QColor kOrangeTop{240, 108, 84};
inline const QColor kOrangeBottom{238, 90, 64};
inline const QColor kGrey230{230, 230, 230};
inline const QColor kDisabledBottom{230, 220, 220};
inline const QColor kGrey210{210, 210, 210};
inline const QColor kGrey215{215, 215, 215};
inline const QColor kDarkGrey50{50, 50, 50};
inline const QColor kGrey80{80, 80, 80};
inline const QColor kGrey100{100, 100, 100};
inline const QColor kGrey150{150, 150, 150};
inline const QColor kHeaderRule{140, 210, 205};
inline const QColor kCurrentRowText{47, 64, 107};
inline const QColor kListText{28, 39, 70};
inline const QColor kRed{255, 0, 0};
inline const QColor kBlue{0, 0, 255};
inline const QColor kFooter{248, 248, 247};
inline const QColor kOddRow{255, 245, 255};
inline const QColor kSelBack{200, 200, 255};

}  // namespace quorvex::ui::skin
