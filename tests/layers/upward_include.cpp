// Compiled only by the test layers.upward_include_fails, as a file of the HTTP
// engine's layer: the product sits above that layer, so this include must not
// be found.
#include "product/quillon_product.h"
