// A shell header that reaches up into the board room: the rooms check must refuse it.
#pragma once
#include "board/record_view.h"
#include "platform/platform.h"
