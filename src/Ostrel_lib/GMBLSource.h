// The full interface of a measurement source: 82 virtual operations, almost
// all with fixed default bodies. Operations that no code in the library calls
// keep their place in the interface under a positional name (OpNN, NN being
// the position) with their arity and default body; later classes override
// them by the same name.
#pragma once

#include "GDeviceIOSource.h"
#include "GPortRef.h"

#include <cstdint>
#include <string>

class GMBLSource : public GDeviceIOSource {
  public:
    GMBLSource() = default;
    ~GMBLSource() override = default;

    // 0 to 5: GDeviceIOSource.
    virtual bool Op06(int32_t) { return false; }               // 6
    virtual bool Op07();                                       // 7: Op15, then Op18; true
    virtual void Op08() {}                                     // 8
    virtual int32_t Op09() { return -1; }                      // 9
    virtual bool Op10() { return false; }                      // 10
    virtual void Op11() {}                                     // 11
    virtual bool Op12() { return false; }                      // 12
    virtual int32_t Op13() { return -1; }                      // 13
    virtual void Op14() {}                                     // 14
    virtual void Op15() {}                                     // 15
    virtual bool IsMeasuring() { return true; }                // 16
    virtual void Op17() {}                                     // 17
    virtual void Op18() {}                                     // 18
    virtual void Op19(int32_t) {}                              // 19
    virtual void Op20(int32_t) {}                              // 20
    virtual void Op21(int32_t, int32_t) {}                     // 21
    virtual void Op22(int32_t) {}                              // 22
    virtual int32_t Op23(int32_t, int32_t) { return -1; }      // 23
    virtual int32_t Op24(int32_t, int32_t, int32_t, int32_t) { // 24
        return -1;
    }
    virtual int32_t Op25(int32_t, int32_t, int32_t, int32_t, int32_t) { // 25
        return -1;
    }
    virtual int32_t Op26() { return 0; }                           // 26
    virtual int32_t Op27(std::string) { return -1; }               // 27
    virtual int32_t Op28(int32_t, int32_t, int32_t) { return -1; } // 28
    virtual int32_t Op29() { return 0; }                           // 29
    virtual double Op30(int32_t, int32_t, int32_t, int32_t) = 0;   // 30
    virtual bool Op31(int32_t, int32_t) { return false; }          // 31
    virtual bool Op32() { return false; }                          // 32
    virtual void Op33() {}                                         // 33
    virtual void Op34() {}                                         // 34
    virtual void Op35() {}                                         // 35
    virtual bool Op36() { return false; }                          // 36
    virtual bool Op37() { return false; }                          // 37
    virtual void Op38() {}                                         // 38
    virtual void Op39() {}                                         // 39
    virtual void Op40() {}                                         // 40
    virtual void Op41() {}                                         // 41
    virtual void Op42(int32_t, int32_t) {}                         // 42
    virtual void Op43(int32_t) {}                                  // 43
    virtual void Op44() {}                                         // 44
    virtual bool Op45(int32_t, int32_t) { return false; }          // 45
    // (channel, out number); the product source answers its sensor codes.
    virtual bool Op46(int32_t, int32_t *) { return false; }       // 46
    virtual void Op47() {}                                        // 47
    virtual bool Op48() { return false; }                         // 48
    virtual bool Op49() { return false; }                         // 49
    virtual void Op50() {}                                        // 50
    virtual void Op51() {}                                        // 51
    virtual int32_t Op52() { return 0; }                          // 52
    virtual bool Op53(int32_t) { return false; }                  // 53
    virtual bool Op54(int32_t) { return true; }                   // 54
    virtual bool Op55(int32_t) { return false; }                  // 55
    virtual int32_t Op56() { return 1; }                          // 56
    virtual int32_t Op57() { return 1; }                          // 57
    virtual std::wstring Op58(int32_t) { return std::wstring(); } // 58
    virtual std::wstring Op59(int32_t) { return std::wstring(); } // 59
    virtual std::wstring Op60() { return std::wstring(); }        // 60
    virtual bool Op61() { return Op60().empty(); }                // 61
    virtual int32_t Op62(int32_t) { return -1; }                  // 62
    virtual void Op63(int32_t, int32_t) {}                        // 63
    virtual int32_t Op64(int32_t) { return 1; }                   // 64
    virtual void Op65() {}                                        // 65
    virtual bool Op66() { return false; }                         // 66
    virtual bool Op67() { return false; }                         // 67
    virtual bool Op68() { return false; }                         // 68
    virtual bool Op69() { return false; }                         // 69
    virtual void Op70() {}                                        // 70
    virtual void Op71() {}                                        // 71
    virtual void Op72(int32_t) {}                                 // 72
    virtual void Op73() {}                                        // 73
    virtual std::wstring GetDisplayName();                        // 74: "Pellucor", whatever the port
    virtual bool Op75() { return false; }                         // 75
    virtual void Op76() {}                                        // 76
    virtual void Op77() {}                                        // 77
    virtual bool Op78() { return true; }                          // 78
    virtual std::wstring GetPortLocation();                       // 79: the Location of m_portRef
    virtual void Op80(std::wstring) {}                            // 80
    virtual bool Op81() { return false; }                         // 81

    // The port the source was opened on (empty before the first attach).
    const GPortRef &GetPortRef() const { return m_portRef; }

  protected:
    // The port the source was opened on; empty until the product source
    // copies the port in when it attaches. (The interface's other bookkeeping
    // members are read by nothing in the library and are left out.)
    GPortRef m_portRef;
};
