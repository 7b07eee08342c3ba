// MPI wrapper: the process group of one run. Works without a launcher (one process, rank 0).
#ifndef OX_PLATFORM_OXMPI_WRAPPER_H_
#define OX_PLATFORM_OXMPI_WRAPPER_H_

// Handles are value objects over the MPI library's own handles; copy them from the
// constants of OxMpiObj just before a call.
class OX_MPI_Comm {
 public:
  OX_MPI_Comm() = default;
  explicit OX_MPI_Comm(void* handle) : handle_(handle) {}
  void* handle() const { return handle_; }

 private:
  void* handle_ = nullptr;
};

class OX_MPI_Datatype {
 public:
  OX_MPI_Datatype() = default;
  explicit OX_MPI_Datatype(void* handle) : handle_(handle) {}
  void* handle() const { return handle_; }

 private:
  void* handle_ = nullptr;
};

class OX_MPI_Op {
 public:
  OX_MPI_Op() = default;
  explicit OX_MPI_Op(void* handle) : handle_(handle) {}
  void* handle() const { return handle_; }

 private:
  void* handle_ = nullptr;
};

// The constants of the MPI library, read once.
struct OxMpiObj {
  OX_MPI_Comm comm_world;
  OX_MPI_Datatype byte_type;
  OX_MPI_Datatype datatype_null;
  OX_MPI_Datatype unsigned_long_type;
  OX_MPI_Op sum_op;
  void* in_place;

  static const OxMpiObj& Get();
};

#define OX_MPI_COMM_WORLD (OxMpiObj::Get().comm_world)
#define OX_MPI_BYTE (OxMpiObj::Get().byte_type)
#define OX_MPI_DATATYPE_NULL (OxMpiObj::Get().datatype_null)
#define OX_MPI_UNSIGNED_LONG (OxMpiObj::Get().unsigned_long_type)
#define OX_MPI_SUM (OxMpiObj::Get().sum_op)
#define OX_MPI_IN_PLACE (OxMpiObj::Get().in_place)

// Initialises MPI with full thread support (the collective library sends from its own threads).
int OX_MPI_Init(int* argc, char*** argv);
int OX_MPI_Finalize();
int OX_MPI_Comm_size(OX_MPI_Comm comm, int* size);
int OX_MPI_Comm_rank(OX_MPI_Comm comm, int* rank);
int OX_MPI_Barrier(OX_MPI_Comm comm);
int OX_MPI_Bcast(void* buffer, int count, OX_MPI_Datatype datatype, int root, OX_MPI_Comm comm);
int OX_MPI_Allgather(const void* sendbuf, int sendcount, OX_MPI_Datatype sendtype, void* recvbuf,
                     int recvcount, OX_MPI_Datatype recvtype, OX_MPI_Comm comm);
int OX_MPI_Allreduce(const void* sendbuf, void* recvbuf, int count, OX_MPI_Datatype datatype,
                     OX_MPI_Op op, OX_MPI_Comm comm);

#endif  // OX_PLATFORM_OXMPI_WRAPPER_H_
