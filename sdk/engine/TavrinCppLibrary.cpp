// Translation unit of libTavrinCpp.so. The library is linked from the internal
// layer libraries; the exported SDK entry points are added beside this file.
namespace Q7::TavrinC
{
}
