#include "app/mdlModes.h"

namespace ostrada::app {

void InitProductIdentity(platform::Application& app) {
    productIdentity.productName = u"Ostrada";
    productIdentity.productVersion = u"1.0";
    app.SetTitle(productIdentity.productName + u" " + productIdentity.productVersion);
    productIdentity.titleColorText = u"4227072";
}

}  // namespace ostrada::app
