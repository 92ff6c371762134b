#include "kernel_fixture.h"
