#pragma once

// The soft shadow under the panel's card: black at 0.44, blurred by 32
// points and moved 16 points down. It is drawn by a window of its own that
// lies over the card's surroundings: it takes no input and no focus, is
// clear over the card itself (the card hides its own shadow), and is shown
// only where a compositing manager runs, since without one its translucent
// pixels would come out black. The panel's window and the card in it keep
// their size and place whether or not the shadow shows.

#include <QMargins>
#include <QPixmap>
#include <QWidget>

namespace tovrik::panel {

class PanelCardShadow : public QWidget {
    Q_OBJECT
public:
    static constexpr double shadowOpacity = 0.44;
    static constexpr double shadowRadius = 32;
    static constexpr double shadowOffsetY = 16;

    explicit PanelCardShadow(double cornerRadius);

    // How far the shadow reaches beyond the card on each side (the offset
    // moves it down: less room above, more below).
    static QMargins margins();
    // Places the shadow around `card` (Qt global coordinates) and shows it
    // when `visible`, else hides it.
    void follow(const QRect& card, bool visible);
    // The card the shadow lies around, in Qt global coordinates.
    QRect cardRect() const { return geometry().marginsRemoved(margins()); }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    double m_cornerRadius;
    // A blurred card corner-to-corner, drawn nine-patch so that a resize
    // costs no new blur.
    QPixmap m_template;
    int m_templateCorner = 0;
};

} // namespace tovrik::panel
