#include "platform/Object.h"

#include "platform/Exceptions.h"

void TPersistent::Assign(TPersistent* source) {
    if (source != nullptr) {
        TPersistentAccess::AssignTo(source, this);
        return;
    }
    AssignError(nullptr);
}

// The default knows no conversion; the destination reports the failure so
// that the message names the source first and the destination second.
void TPersistent::AssignTo(TPersistent* dest) {
    dest->AssignError(this);
}

void TPersistent::AssignError(const TPersistent* source) const {
    const std::string sourceName = source != nullptr ? source->ClassName() : "nil";
    throw EConvertError::Assign(sourceName, ClassName());
}
