// Texts of Winsock error numbers. Windows only.
#pragma once

#include <string>

namespace talvik {

// The name of a common Winsock error ("WSAEADDRINUSE"); null for others.
const char* WinsockErrorName(int error);
// The system's text for a Winsock error and its number, e.g. "Only one
// usage of each socket address ... is normally permitted (10048)". Where the
// system has no text (Wine has none for most), the error's name stands in,
// so that a text is never empty.
std::string WinsockErrorText(int error);

}  // namespace talvik
