// Checks an upgrade package or a flash image before it is shipped: the
// InstallDesc commands against the entries, every partition header and its
// CRCs, the bounds and room of each image against the product, the file
// systems themselves (cramfs by our own structural check, squashfs by
// "unsquashfs -s") and the product stamp of the custom partition.
#pragma once

#include <string>
#include <vector>

#include "firmsmith/check/package_inspect.h"
#include "firmsmith/package/make/make_operation.h"
#include "firmsmith/products/product_profile.h"

namespace check {

// One line per problem, each naming the entry (or partition) it concerns.
// Empty when every check passed. `product` nullptr: no bounds checks, and a
// file that is not a ZIP archive cannot be read (a flash image needs one).
// The images are read and checked side by side on up to `workers` threads
// (0: one per core); the lines and their order do not depend on the count.
std::vector<std::string> VerifyPackage(const std::string& path, const products::ProductProfile* product,
                                       unsigned workers = 0);

// VerifyPackage of a package without a named product: it is read once, and
// the product RecogniseProduct finds in that reading is the one checked
// against. *note receives why none was found ("" when one was): then the
// bounds go unchecked.
std::vector<std::string> VerifyRecognising(const std::string& path, const products::ProductList& products,
                                           std::string* note, unsigned workers = 0);

// The product a package was made for, when none is named: the one among
// `products` whose hardware the custom partition's ProductDefinition names,
// else the one whose layout puts every image where its header's load
// address says. False with the reason in *why when none or several fit.
bool RecogniseProduct(const std::string& path, const products::ProductList& products,
                      products::ProductProfile* product, std::string* why);
// The same of a package already read without a product.
bool RecogniseProduct(const PackageReport& report, const products::ProductList& products,
                      products::ProductProfile* product, std::string* why);

// InspectPackage for a command: with "--product NAME|FILE.ini" by that
// product, else read once without one and placed in the product
// RecogniseProduct finds there (*product nullptr when none fits: the caller
// goes on without). False with the reason in *error when the named product
// cannot be found or the package cannot be read.
bool InspectForCommand(const std::vector<std::string>& args, const std::string& path,
                       products::ProductProfile* storage, const products::ProductProfile** product,
                       PackageReport* report, std::string* error);

// The make operation's verifier (package::MakeEnvironment::verifyOutput).
package::OutputVerifier MakeOutputVerifier();

}  // namespace check
