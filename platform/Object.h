// Root of the framework's class tree: event senders, assignable objects and
// the class names that the conversion error reports.
#pragma once

#include <string>

class TObject {
public:
    virtual ~TObject() = default;
    virtual std::string ClassName() const { return "TObject"; }
};

// An object that can take its content from another: Assign(Source) asks
// Source->AssignTo(this); an AssignTo that knows no way raises the
// framework's conversion error ("%s を %s に代入できません").
class TPersistent : public TObject {
public:
    std::string ClassName() const override { return "TPersistent"; }
    virtual void Assign(TPersistent* source);

protected:
    friend class TPersistentAccess;
    virtual void AssignTo(TPersistent* dest);
    [[noreturn]] void AssignError(const TPersistent* source) const;
};

// Lets an Assign reach another object's protected AssignTo.
class TPersistentAccess {
public:
    static void AssignTo(TPersistent* source, TPersistent* dest) { source->AssignTo(dest); }
};
