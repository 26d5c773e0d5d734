#pragma once

class CUBuffer;

// Root of the objects that stream themselves into and out of a CUBuffer.
class CUObject
{
public:
    virtual ~CUObject() = default;
    virtual void Read(CUBuffer&) {}
    virtual void Write(CUBuffer&) {}
};
