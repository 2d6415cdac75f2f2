// What error codes mean, in the language of the user interface: the device-link codes (and the P2P
// library's results that reach the program unmapped), and the codes of the service and its cloud storage.
#pragma once

#include <QString>

// The meaning of a device-link code or a P2P library result ("" for 0).
QString DeviceErrorMeaning(int code);
// The meaning of a failed connect: a missing or unusable address reads as an address that is not valid.
QString ConnectErrorMeaning(int code);
// The meaning of a service result: a network failure, a service code, an HTTP status or a storage code.
QString ServiceErrorMeaning(int code);
// "(code:meaning)", the form that follows a status text.
QString CodeWithMeaning(int code, const QString& meaning);
