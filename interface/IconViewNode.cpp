#include "interface/IconViewNode.h"

IconViewNode* IconViewNode::init() {
    return static_cast<IconViewNode*>(NSObject::init());
}

void IconViewNode::dealloc() {
    setAppID(nullptr);
    setAppName(nullptr);
    setAppicon(nullptr);
    NSObject::dealloc();
}
