#include "ShellApi.h"

namespace network {

int lengthBeforeNul(QStringView text) {
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    return static_cast<int>(nul < 0 ? text.size() : nul);
}

}  // namespace network
