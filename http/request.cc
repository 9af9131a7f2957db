// The buffer that a worker's steps take turns with.
#include "http/request.h"

char exchange_buffer[EXCHANGE_BUFFER_SIZE];
