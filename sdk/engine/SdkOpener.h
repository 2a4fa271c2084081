#pragma once
// The one-time opening of the SDK by the C++ interface.

/// Opens the SDK when constructed and closes it when destroyed. The single
/// instance is made by EnsureSdkOpen and destroyed at process exit.
class SdkOpener
{
public:
    /// Logs level 5 "Sdk: Opening SDK & register default factory\n", opens the
    /// SDK and registers the default object factory. Throws the exception of
    /// ThrowOnErrorCode for the first of them that fails.
    SdkOpener();
    /// Logs level 5 "Sdk: Closing SDK\n" and closes the SDK (CloseSdk with
    /// false). Never throws.
    ~SdkOpener();

    SdkOpener(const SdkOpener&) = delete;
    SdkOpener& operator=(const SdkOpener&) = delete;
};

/// The single SdkOpener, constructed on the first call that succeeds; a call
/// whose construction throws passes the exception on, and the next call tries
/// again. Thread-safe; blocks while another thread constructs it.
SdkOpener& EnsureSdkOpen();
