// The compressed-file container: the file magic and the block records.
#include <tarvix/container.h>
