#include "Changes.h"

#include "SimPath.h"

namespace sim {

std::string Change::describe() const {
  switch (kind) {
    case Kind::DeletedKey:
      return "deleted key " + path::briefRootPath(path);
    case Kind::DeletedValue:
      return "deleted value " + path::briefRootPath(path) + '|' + valueName;
    case Kind::RemovedDevice:
      return "removed device " + path;
    case Kind::CreatedNode:
      return "created node " + path;
    case Kind::RemovedNode:
      return "removed node " + path;
    case Kind::CreatedKey:
      return "created key " + path::briefRootPath(path);
    case Kind::DeletedFile:
      return "deleted file " + path;
  }
  return "unknown change " + path;
}

}  // namespace sim
