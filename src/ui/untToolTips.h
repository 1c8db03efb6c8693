// Tool tips stay visible for a fixed time (the platform's default depends on
// the text's length).
#pragma once

class QObject;

// Installs an application-wide filter that shows every widget's tool tip for
// `milliseconds`. The filter is a child of `owner`.
void SetToolTipDuration(QObject* owner, int milliseconds);
