// The status bar's progress panel: while a run executes, a solid blue bar
// over the button-face colour with the percentage in red at the top centre;
// otherwise nothing.
#pragma once

#include "untCommon.h"

#include <QWidget>

#include <functional>
#include <utility>

class TProgressPanel : public QWidget {
public:
    explicit TProgressPanel(QWidget* parent = nullptr);
    // Where the panel reads whether a run executes and its percentage.
    void SetSource(std::function<std::pair<bool, IntPercent>()> source) { FSource = std::move(source); }
    // The blue part's width for a panel of `width` pixels: width * percent /
    // 100, rounded to the nearest integer, halves to even.
    static int FillWidth(int width, IntPercent percent);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::function<std::pair<bool, IntPercent>()> FSource;
};
