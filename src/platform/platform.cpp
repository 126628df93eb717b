// Platform functions shared by both operating systems live beside this file;
// the operating-system specific halves are in posix/ and windows/.
