#include "ui/trayicon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace veldon::ui {

QIcon stateIcon(TrayState state) {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64}) {
        QPixmap picture(size, size);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        QSvgRenderer(QStringLiteral(":/icons/veldon.svg")).render(&painter);
        // Up to date: green; sending: light blue; line down: grey with a red bar; stuck: orange.
        QColor mark;
        switch (state) {
            case TrayState::UpToDate:
                mark = QColor("#2e9e44");
                break;
            case TrayState::Sending:
                mark = QColor("#29a3e0");
                break;
            case TrayState::LineDown:
                mark = QColor("#8a8a8a");
                break;
            case TrayState::Stuck:
                mark = QColor("#f08c00");
                break;
        }
        const qreal d = size * 0.46;
        const QRectF dot(size - d - 0.5, size - d - 0.5, d, d);
        painter.setPen(QPen(Qt::white, std::max(1.0, size / 24.0)));
        painter.setBrush(mark);
        painter.drawEllipse(dot);
        if (state == TrayState::LineDown) {
            painter.setPen(QPen(QColor("#d33"), std::max(1.5, size / 12.0)));
            painter.drawLine(dot.topLeft() + QPointF(d * 0.25, d * 0.25),
                             dot.bottomRight() - QPointF(d * 0.25, d * 0.25));
        } else if (state == TrayState::Stuck) {
            painter.setPen(QPen(Qt::white, std::max(1.5, size / 14.0)));
            painter.drawLine(QPointF(dot.center().x(), dot.top() + d * 0.22),
                             QPointF(dot.center().x(), dot.bottom() - d * 0.4));
            painter.drawPoint(QPointF(dot.center().x(), dot.bottom() - d * 0.2));
        }
        painter.end();
        icon.addPixmap(picture);
    }
    return icon;
}

}  // namespace veldon::ui
