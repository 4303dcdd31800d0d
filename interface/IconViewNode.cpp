#include "interface/IconViewNode.h"

void IconViewNode::dealloc() {
    setAppID(nullptr);
    setAppName(nullptr);
    setAppicon(nullptr);
    NSObject::dealloc();
}
