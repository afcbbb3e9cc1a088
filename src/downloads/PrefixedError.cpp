#include "downloads/PrefixedError.h"

#include "log/Exception.h"
#include "log/LogManager.h"

#include <string>
#include <typeinfo>

namespace {

// A copy of a caught error with a prefixed message that keeps the original
// class name for the log.
class EPrefixedError : public Exception {
public:
    EPrefixedError(const QString& aMessage, const void* aAddress, std::string aClassName)
        : Exception(aMessage, aAddress), FClassName(std::move(aClassName)) {}
    const char* ClassName() const override { return FClassName.c_str(); }

private:
    std::string FClassName;
};

class EPrefixedLogError : public ELogMngrException {
public:
    EPrefixedLogError(const ELogMngrException& aError, const QString& aPrefix)
        : ELogMngrException(aError.Source(), aPrefix + aError.Message(), aError.ExtraData()),
          FClassName(aError.ClassName()) {}
    const char* ClassName() const override { return FClassName.c_str(); }

private:
    std::string FClassName;
};

} // namespace

void HandleExceptionPrefixed(const QString& aSource, const QString& aPrefix)
{
    try {
        throw;
    } catch (const EAbort&) {
    } catch (const ELogMngrException& e) {
        HandleException(aSource, EPrefixedLogError(e, aPrefix), e.Address(), DefaultMessageOptions);
    } catch (const Exception& e) {
        HandleException(aSource, EPrefixedError(aPrefix + e.Message(), e.Address(), e.ClassName()), e.Address(),
                        DefaultMessageOptions);
    } catch (const std::exception& e) {
        HandleException(aSource, EPrefixedError(aPrefix + QString::fromLocal8Bit(e.what()), nullptr, typeid(e).name()),
                        nullptr, DefaultMessageOptions);
    } catch (...) {
        HandleException(aSource, EPrefixedError(aPrefix + QStringLiteral("Unknown exception"), nullptr, "Exception"),
                        nullptr, DefaultMessageOptions);
    }
}
