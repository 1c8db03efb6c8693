#include "untResultPageControl.h"
