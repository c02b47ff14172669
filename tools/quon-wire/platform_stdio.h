#pragma once
namespace quon {
// Puts stdin and stdout into binary mode where the platform distinguishes it.
void SetBinaryStdio();
}
