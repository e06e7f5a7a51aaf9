#include "sketchfile/dc_logger.h"
