#include "untProgressPanel.h"

#include <QPainter>

#include <cmath>

TProgressPanel::TProgressPanel(QWidget* parent) : QWidget(parent)
{
    setAccessibleName(QStringLiteral("Progress"));
    setMinimumHeight(16);
}

int TProgressPanel::FillWidth(int width, IntPercent percent)
{
    // The product in integers, the division in floating point, then banker's
    // rounding (nearbyint under the default rounding mode).
    return int(std::nearbyint(double(width * int(percent)) / 100.0));
}

void TProgressPanel::paintEvent(QPaintEvent*)
{
    if (!FSource)
        return;
    const auto [executing, percent] = FSource();
    if (!executing)
        return;
    QPainter painter(this);
    const QRect area = rect();
    painter.fillRect(area, palette().color(QPalette::Button));
    painter.fillRect(QRect(area.left(), area.top(), FillWidth(area.width(), percent), area.height()),
                     QColor(0, 0, 255));
    painter.setPen(QColor(255, 0, 0));
    painter.drawText(area, Qt::AlignHCenter | Qt::AlignTop, QString::number(percent) + QLatin1Char('%'));
}
