#pragma once

// Values of the integer "status" in the control channel's replies (and in the
// "STATUSFILTERINGLOCAL" command), shared by the agent, the tray program and
// corvanectl. The sign-in objects' results are these values too.
struct ControlStatus
{
    // "STATUSCHECKAUTH"
    static constexpr int checkAuthRefused = 0; // the sign-in data was not accepted
    static constexpr int checkAuthOk = 1;
    static constexpr int checkAuthTransportError = 2; // the service could not be asked
    // "STATUSCREATEPIN"
    static constexpr int createPinOk = 1;
    static constexpr int createPinRefused = 2;
    // "STATUSCHECKPIN"
    static constexpr int checkPinWrong = 0;
    static constexpr int checkPinOk = 1;
    // A PIN of the wrong length: not sent by the agent, understood by the
    // tray program.
    static constexpr int checkPinWrongLength = 2;
    // 3 and 4 follow a right PIN: the service refused this machine (the
    // account's launch limit), or could not be reached.
    static constexpr int checkPinUidRefused = 3;
    static constexpr int checkPinBackendDown = 4;
    // "VERSIONS"
    static constexpr int versionNotComparable = 0; // or the check failed, or the running version is newer
    static constexpr int versionSame = 1;
    static constexpr int versionNewer = 2;
    // "STATUSFILTERINGLOCAL", both ways (a command takes any non-zero value as on)
    static constexpr int filteringOff = 0;
    static constexpr int filteringOn = 1;
};
